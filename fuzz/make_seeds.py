#!/usr/bin/env python3
"""Writes starting corpora for the fuzz targets: small sound inputs that
reach the deeper code at once (a partition table with an extended chain,
mountable boot records, a FAT32 volume with long names, deleted entries and
subdirectories, the demo disk's NTFS records). The fuzzer mutates from there.
The committed corpora under fuzz/corpus/ are this script's output (plus the
inputs of faults found since, kept as regression seeds); they are kept
small, so images are packed tight and the NTFS ones cut short.

usage: fuzz/make_seeds.py OUTDIR [--cli RETROVA_CLI]
  makes OUTDIR/<target> for every target; with --cli, also OUTDIR/load_scan
  from scans of the demo disk saved by that program.
"""
import gzip
import os
import struct
import subprocess
import sys
import tempfile

SECTOR = 512


def entry(ptype, rel_start, count):
    # The search takes an entry whose CHS start is sector 1 of head 0 or 1 and
    # whose CHS end is the last sector of a track; in an image this small no
    # volume starts on a cylinder, so the fields claim what a large disk's
    # table would (start head 1 sector 1, end 1023/254/63).
    return (b'\0' + bytes([1, 1, 0]) + bytes([ptype]) + bytes([254, 63 | 0xC0, 0xFF]) +
            struct.pack('<II', rel_start, count))


def table(entries):
    s = bytearray(SECTOR)
    for i, e in enumerate(entries):
        s[446 + 16 * i:462 + 16 * i] = e
    s[510:512] = b'\x55\xaa'
    return s


def boot(oem, spc):
    s = bytearray(SECTOR)
    s[0:3] = b'\xeb\x58\x90'
    s[3:11] = oem
    struct.pack_into('<HB', s, 11, 512, spc)
    s[21] = 0xF8
    s[510:512] = b'\x55\xaa'
    return s


def fat32_boot(total, spc=1, fat_sectors=4, reserved=2, root=2, oem=b'MSWIN4.1'):
    s = boot(oem, spc)
    struct.pack_into('<HB', s, 14, reserved, 2)
    struct.pack_into('<IIHHI', s, 32, total, fat_sectors, 0, 0, root)
    struct.pack_into('<H', s, 50, 6)
    s[82:90] = b'FAT32   '
    return s


def fat16_boot(total, name=b'FAT16   '):
    s = boot(b'MSDOS5.0', 4)
    struct.pack_into('<HBHHB', s, 14, 1, 2, 512, total if total < 65536 else 0, 0xF8)
    struct.pack_into('<H', s, 22, 8)
    s[54:62] = name
    return s


def ntfs_boot(total):
    s = boot(b'NTFS    ', 1)
    struct.pack_into('<QQQ', s, 40, total, 4, total // 2)
    struct.pack_into('<II', s, 64, 246, 1)
    return s


def image(sectors, parts):
    img = bytearray(sectors * SECTOR)
    for lba, data in parts:
        img[lba * SECTOR:lba * SECTOR + len(data)] = data
    return bytes(img)


def partition_seeds():
    # An MBR with a FAT32 volume at 16 (and its backup at 22), an extended
    # partition at 48 whose chain holds a FAT16 volume and links to a second
    # EBR holding an NTFS one, and a lost NTFS volume known only by its boot
    # record. Packed tight: the search walks every sector, alignment or not.
    mbr = table([entry(0x0C, 16, 32), entry(0x05, 48, 56)])
    ebr1 = table([entry(0x06, 8, 16), entry(0x05, 24, 32)])
    ebr2 = table([entry(0x07, 8, 16)])
    full = image(104, [(0, mbr), (16, fat32_boot(32)), (22, fat32_boot(32)), (48, ebr1),
                       (56, fat16_boot(16)), (72, ebr2), (80, ntfs_boot(16)), (96, ntfs_boot(8))])
    return {
        'tables': full,
        'no_table': image(40, [(4, fat32_boot(24)), (30, ntfs_boot(10))]),
        'entries_only': image(32, [(0, table([entry(0x0C, 8, 16), entry(0x07, 24, 8)]))]),
        # The chain's first EBR links back to itself.
        'ebr_loop': image(16, [(0, table([entry(0x05, 4, 8)])),
                               (4, table([entry(0x05, 0, 4), entry(0x06, 4, 4)]))]),
    }


def bootrec_seeds():
    return {
        'fat32': bytes(fat32_boot(1 << 20, spc=8, fat_sectors=1024, reserved=32)),
        'fat16': bytes(fat16_boot(60000)),
        'fat12': bytes(fat16_boot(4000, b'FAT12   ')),
        'ntfs': bytes(ntfs_boot(1 << 24)),
        'dell': bytes(fat32_boot(1 << 16, oem=b'Dell 4.1')),
    }


def dirent(name, attr, cluster, size, date=0x506F, time=0x6000):
    assert len(name) == 11
    return struct.pack('<11sBBBHHHHHHHI', name, attr, 0, 0, time, date, date, cluster >> 16, time, date,
                       cluster & 0xFFFF, size)


def lfn_entries(long_name, short):
    chk = 0
    for b in short:
        chk = (((chk & 1) << 7) + (chk >> 1) + b) & 0xFF
    units = [ord(c) for c in long_name] + [0]
    units += [0xFFFF] * (-len(units) % 13)
    out = []
    for i in range(len(units) // 13):
        u = units[13 * i:13 * i + 13]
        seq = i + 1 + (0x40 if 13 * (i + 1) >= len(units) else 0)
        e = struct.pack('<B5HBBB6HH2H', seq, *u[0:5], 0x0F, 0, chk, *u[5:11], 0, *u[11:13])
        out.append(e)
    return list(reversed(out))


def fat_seed(spc=1, clusters=64, root=2, own_fat2=False):
    """Header, FAT 1 (and FAT 2), data area, in the layout fuzz_fat reads."""
    fat_sectors = ((clusters + 2) * 4 + SECTOR - 1) // SECTOR
    bpc = spc * SECTOR
    header = bytes([{1: 0, 2: 1, 4: 2, 8: 3}[spc] | (8 if own_fat2 else 0)]) + struct.pack('<HH', clusters - 16, root)
    header += bytes(8 - len(header))
    fat = [0x0FFFFFF8, 0x0FFFFFFF] + [0] * clusters
    data = bytearray(clusters * bpc)

    def cl(n):
        return (n - 2) * bpc

    # Root: two clusters (2 -> 3); a label, a long-named file, a deleted file,
    # a directory (4) and a long-named directory (6, deleted).
    fat[2], fat[3] = 3, 0x0FFFFFFF
    root_slots = [dirent(b'FUZZVOL    ', 0x08, 0, 0)]
    root_slots += lfn_entries('A long file name.txt', b'ALONGF~1TXT') + [dirent(b'ALONGF~1TXT', 0x20, 5, 700)]
    root_slots += [dirent(b'\xe5ELETED TXT', 0x20, 8, 100)]
    root_slots += [dirent(b'SUBDIR     ', 0x10, 4, 0)]
    root_slots += [dirent(b'\xe5ONGDI~1   ', 0x10, 6, 0)]
    flat = b''.join(root_slots)
    data[cl(2):cl(2) + len(flat)] = flat[:bpc]
    if len(flat) > bpc:
        data[cl(3):cl(3) + len(flat) - bpc] = flat[bpc:]
    # Subdirectory 4 with . and .., a file, and a nested directory 7.
    fat[4] = 0x0FFFFFFF
    sub = [dirent(b'.          ', 0x10, 4, 0), dirent(b'..         ', 0x10, 0, 0),
           dirent(b'INNER   BIN', 0x20, 9, 3000), dirent(b'NESTED     ', 0x10, 7, 0)]
    flat = b''.join(sub)
    data[cl(4):cl(4) + len(flat)] = flat
    fat[5], fat[9], fat[10] = 0x0FFFFFFF, 10, 0x0FFFFFFF
    fat[7] = 0x0FFFFFFF
    nested = [dirent(b'.          ', 0x10, 7, 0), dirent(b'..         ', 0x10, 4, 0),
              dirent(b'DEEP    TXT', 0x20, 11, 5)]
    flat = b''.join(nested)
    data[cl(7):cl(7) + len(flat)] = flat
    # A lost directory the slow scan finds by its dot entries.
    lost = [dirent(b'.          ', 0x10, 12, 0), dirent(b'..         ', 0x10, 0, 0),
            dirent(b'LOST    DAT', 0x20, 13, 10)]
    flat = b''.join(lost)
    data[cl(12):cl(12) + len(flat)] = flat
    fat_bytes = struct.pack('<%dI' % len(fat), *fat)
    fat_bytes += bytes(fat_sectors * SECTOR - len(fat_bytes))
    out = header + fat_bytes + (fat_bytes if own_fat2 else b'') + bytes(data)
    return out.rstrip(b'\0')


def fat_seeds():
    seeds = {
        'spc1': fat_seed(),
        'spc2_fat2': fat_seed(spc=2, clusters=40, own_fat2=True),
        'spc8': fat_seed(spc=8, clusters=30),
    }
    # The boot record from the input: a volume at LBA 0 of a tiny image.
    boot_rec = fat32_boot(2 + 2 + 64, spc=1, fat_sectors=1, reserved=2)
    body = fat_seed(clusters=64)[8:]
    fat1, data = body[:SECTOR], body[SECTOR:]
    seeds['raw_boot'] = bytes([4]) + bytes(7) + bytes(boot_rec) + bytes(SECTOR) + fat1 + fat1 + data
    return seeds


def demo_disk():
    here = os.path.dirname(os.path.abspath(__file__))
    with gzip.open(os.path.join(here, '..', 'tests', 'fixtures', 'demo.img.gz')) as f:
        return f.read()


DEMO_NTFS = 80325  # the demo disk's NTFS volume: clusters of 8 sectors, $MFT at cluster 4
DEMO_MFT_RECORDS = 70  # what its $MFT holds; the user's files are records 64 to 67
SHORT_MFT_RECORDS = 27  # the system files and $Extend's children: enough for a scan to start


def demo_mft(records=DEMO_MFT_RECORDS, disk=None):
    disk = disk or demo_disk()
    start = (DEMO_NTFS + 32) * SECTOR
    return disk[start:start + records * 1024]


def ntfs_scan_seeds(disk=None):
    """The demo disk's NTFS $MFT (clusters of 8 sectors, at cluster 4), in the layout fuzz_ntfs_scan reads."""
    disk = disk or demo_disk()
    mft = demo_mft(disk=disk)
    short = demo_mft(SHORT_MFT_RECORDS, disk)
    start = DEMO_NTFS * SECTOR
    return {
        'demo_mft': bytes([3, 0, 2, 0, 0, 0, 0, 0]) + mft,
        'demo_mft_stop': bytes([3, 0, 2, 0, 0, 0, 0, 3]) + short,
        'demo_mft_short_drive': bytes([3 | 8, 0, 2, 0, 0, 0, 0, 0]) + short,
        # The volume's own boot record and its first sectors, up to the short $MFT.
        'raw_volume': bytes([4, 0, 0, 0, 0, 0, 0, 0]) + disk[start:start + 32 * SECTOR + len(short)],
    }


def copy_seeds(disk=None):
    """fuzz_copy's inputs: a mode byte (bit 0 NTFS, bit 1 flat, bit 2 slow scan too) and a fuzz_fat or fuzz_ntfs_scan input."""
    seeds = {}
    for name, data in fat_seeds().items():
        seeds['fat_' + name] = bytes([0]) + data
        if name != 'spc8':
            seeds['fat_flat_' + name] = bytes([2]) + data
    ntfs = ntfs_scan_seeds(disk)
    seeds['ntfs_demo_mft'] = bytes([1]) + ntfs['demo_mft']
    seeds['ntfs_flat_short_slow'] = bytes([7]) + ntfs['demo_mft_short_drive']
    return seeds


def mft_seeds(disk=None):
    """fuzz_mft's images: a record at LBA 0, the $MFT record at LBA 2; the last byte's bit 0 picks 4 KiB clusters."""
    mft = demo_mft(disk=disk)
    rec = [mft[i * 1024:(i + 1) * 1024] for i in range(DEMO_MFT_RECORDS)]
    seeds = {'rec%d' % i: rec[i] + rec[0] for i in (0, 5, 9, 24, 64, 66)}
    # The $MFT's own clusters where its run list puts them (cluster 4 of 8 sectors).
    seeds['mapped'] = (rec[5] + rec[0]).ljust(32 * SECTOR, b'\0') + b''.join(rec[:8]) + b'\1'
    return seeds


def attribute_list_record():
    """A record holding a $FILE_NAME, a resident $ATTRIBUTE_LIST and a
    non-resident one whose single cluster (cluster 2 at one sector a cluster)
    is the image's third sector; the record's run list starts at offset 0x124."""
    def list_entry(atype, ref, vcn=0):
        return struct.pack('<IHBBQQH', atype, 32, 0, 26, vcn, ref | (1 << 48), 0).ljust(32, b'\0')

    def resident(atype, value):
        length = (24 + len(value) + 7) // 8 * 8
        return (struct.pack('<IIBBHHHIHBB', atype, length, 0, 0, 0, 0, 0, len(value), 24, 0, 0) + value).ljust(length, b'\0')

    name = 'LISTED.TXT'
    fn = struct.pack('<Q', 5 | (5 << 48)) + bytes(8) + struct.pack('<Q', 0x01D0000000000000) + bytes(24)
    fn += struct.pack('<QQIIBB', 4096, 1000, 0x20, 0, len(name), 1) + name.encode('utf-16-le')
    entries = list_entry(0x10, 70) + list_entry(0x30, 70) + list_entry(0x80, 71) + list_entry(0x80, 72, 16)
    pairs = bytes([0x11, 0x01, 0x02, 0x00])
    nonres = struct.pack('<IIBBHHH', 0x20, 72, 1, 0, 64, 0, 0) + struct.pack('<QQHBBI', 0, 0, 64, 0, 0, 0)
    nonres += struct.pack('<QQQ', SECTOR, len(entries), len(entries)) + pairs
    nonres = nonres.ljust(72, b'\0')
    attrs = resident(0x30, fn) + resident(0x20, entries) + nonres + struct.pack('<I', 0xFFFFFFFF)
    rec = bytearray(1024)
    rec[0:4] = b'FILE'
    struct.pack_into('<HHQHHHHII', rec, 4, 48, 3, 0, 1, 1, 56, 1, 56 + len(attrs), 1024)
    rec[56:56 + len(attrs)] = attrs
    pairs_at = 56 + len(attrs) - 4 - 72 + 64
    return bytes(rec), entries, pairs_at


def attributes_seeds(disk=None):
    """fuzz_attributes' inputs: a 4-byte header (cluster size, run limit, a run list's offset), then a record."""
    mft = demo_mft(disk=disk)
    rec, entries, pairs_at = attribute_list_record()
    seeds = {'listed': bytes([0, 255]) + struct.pack('<H', pairs_at) + rec + entries.ljust(SECTOR, b'\0'),
             'listed_one_run': bytes([4, 0]) + struct.pack('<H', pairs_at) + rec + entries}
    for i in (0, 5, 64):
        seeds['demo_rec%d' % i] = bytes([3, 255, 0, 0]) + mft[i * 1024:(i + 1) * 1024]
    return seeds


def lznt1_compress(data):
    """LZNT1 of data: 4 KiB chunks, greedy matches of up to what the token's length field holds."""
    out = bytearray()
    for c in range(0, len(data), 4096):
        chunk = data[c:c + 4096]
        body = bytearray()
        pos = 0
        while pos < len(chunk):
            flags, group = 0, bytearray()
            for bit in range(8):
                if pos >= len(chunk):
                    break
                shift, q = 12, pos - 1
                while pos and q >= 16:
                    shift, q = shift - 1, q >> 1
                best_len, best_disp = 0, 0
                for disp in range(1, min(pos, 1 << (16 - shift)) + 1):
                    n = 0
                    while pos + n < len(chunk) and n < (0xFFF >> (12 - shift)) + 3 and chunk[pos + n - disp] == chunk[pos + n]:
                        n += 1
                    if n > best_len:
                        best_len, best_disp = n, disp
                if best_len >= 3:
                    flags |= 1 << bit
                    group += struct.pack('<H', ((best_disp - 1) << shift) | (best_len - 3))
                    pos += best_len
                else:
                    group.append(chunk[pos])
                    pos += 1
            body += bytes([flags]) + group
        out += struct.pack('<H', 0xB000 | (len(body) - 1)) + body
    return bytes(out)


def lznt1_seeds():
    """fuzz_lznt1's inputs: the output length in 256-byte steps less one, then a unit."""
    text = b'The quick brown fox jumps over the lazy dog. ' * 30
    stored = struct.pack('<H', 0x3000 | 255) + bytes(range(256))
    return {
        'text': bytes([(len(text) + 255) // 256 - 1]) + lznt1_compress(text) + b'\0\0',
        'two_chunks': bytes([19]) + lznt1_compress(bytes(range(256)) * 16 + b'abc' * 300),
        'stored': bytes([0]) + stored,
        'cut_short': bytes([3]) + lznt1_compress(text)[:200],
    }


def finder_seeds():
    """fuzz_finder's inputs: the pattern text, then NUL-separated names."""
    names = b'\0'.join([b'REPORT.DOC', b'photo.jpeg', b'a.b.c', b'.profile', b'noext', b'trail.', b'..', b''])
    return {
        'patterns': b'*.doc, photo.*,a?c.c ,  ,,x\0' + names,
        'ended_list': b'*.txt,.,later.dat\0' + names,
        'too_many': b','.join(b'p%d.x' % i for i in range(21)) + b'\0' + names,
        'long_part': b'*.' + b'e' * 255 + b'\0' + names,
    }


def load_scan_seeds(cli, disk=None):
    """fuzz_load_scan's inputs: scans of the demo disk's volumes saved by `cli`, the drive and volume records
    taken out (header bit 0: the target puts in its own)."""
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, '..', 'disk', 'phydrive.h')) as f:
        phy = int(f.read().split('kPhyDriveInfoSize = ')[1].split(';')[0])
    with open(os.path.join(here, '..', 'volume', 'logdrive.h')) as f:
        log = int(f.read().split('kLogDriveInfoSize = ')[1].split(';')[0])
    disk = disk or demo_disk()
    seeds = {}
    with tempfile.TemporaryDirectory() as tmp:
        img = os.path.join(tmp, 'demo.img')
        with open(img, 'wb') as f:
            f.write(disk)
        for name, lba in (('fat32', 63), ('ntfs', DEMO_NTFS)):
            out = os.path.join(tmp, name)
            subprocess.run([cli, 'save', img, str(lba), out], check=True, capture_output=True)
            with open(os.path.join(out, 'Save Scan.qsn'), 'rb') as f:
                saved = f.read()
            seeds['demo_' + name] = bytes([1]) + saved[:16] + saved[16 + phy + log:]
    return seeds


def main():
    args = sys.argv[1:]
    cli = None
    if '--cli' in args:
        i = args.index('--cli')
        cli = args[i + 1]
        del args[i:i + 2]
    if len(args) != 1:
        sys.exit(__doc__)
    out = args[0]
    disk = demo_disk()
    corpora = [('partition', partition_seeds()), ('bootrec', bootrec_seeds()), ('fat', fat_seeds()),
               ('ntfs_scan', ntfs_scan_seeds(disk)), ('copy', copy_seeds(disk)), ('mft', mft_seeds(disk)),
               ('attributes', attributes_seeds(disk)), ('lznt1', lznt1_seeds()), ('finder', finder_seeds())]
    if cli:
        corpora.append(('load_scan', load_scan_seeds(cli, disk)))
    for name, seeds in corpora:
        d = os.path.join(out, name)
        os.makedirs(d, exist_ok=True)
        for seed, data in seeds.items():
            with open(os.path.join(d, seed), 'wb') as f:
                f.write(data)


if __name__ == '__main__':
    main()
