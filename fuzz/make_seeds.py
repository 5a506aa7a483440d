#!/usr/bin/env python3
"""Writes starting corpora for the fuzz targets: small sound inputs that
reach the deeper code at once (a partition table with an extended chain,
mountable boot records, a FAT32 volume with long names, deleted entries and
subdirectories). The fuzzer mutates from there.

usage: fuzz/make_seeds.py OUTDIR   (makes OUTDIR/{partition,bootrec,fat,ntfs_scan,copy})
"""
import os
import struct
import sys

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
    # An MBR with a FAT32 volume at 63 (and its backup at 69), an extended
    # partition whose chain holds a FAT16 volume and links to a second EBR,
    # and a lost NTFS volume known only by its boot record.
    mbr = table([entry(0x0C, 63, 126), entry(0x05, 189, 252)])
    ebr1 = table([entry(0x06, 63, 63), entry(0x05, 126, 126)])
    ebr2 = table([entry(0x07, 63, 63)])
    full = image(512, [(0, mbr), (63, fat32_boot(126)), (69, fat32_boot(126)), (189, ebr1),
                       (252, fat16_boot(63)), (315, ebr2), (378, ntfs_boot(63)), (441, ntfs_boot(40))])
    return {
        'tables': full,
        'no_table': image(128, [(63, fat32_boot(64)), (100, ntfs_boot(20))]),
        'entries_only': image(256, [(0, table([entry(0x0C, 63, 126), entry(0x07, 189, 63)]))]),
        'ebr_loop': image(256, [(0, table([entry(0x05, 63, 126)])),
                                (63, table([entry(0x05, 0, 63), entry(0x06, 63, 63)]))]),
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


def ntfs_scan_seeds():
    """The demo disk's NTFS $MFT (clusters of 8 sectors, at cluster 4), in the layout fuzz_ntfs_scan reads."""
    import gzip
    here = os.path.dirname(os.path.abspath(__file__))
    with gzip.open(os.path.join(here, '..', 'tests', 'fixtures', 'demo.img.gz')) as f:
        disk = f.read()
    start = 80325 * SECTOR
    mft = disk[start + 32 * SECTOR:start + 32 * SECTOR + 70 * 1024]
    seeds = {
        'demo_mft': bytes([3, 0, 2, 0, 0, 0, 0, 0]) + mft,
        'demo_mft_stop': bytes([3, 0, 2, 0, 0, 0, 0, 3]) + mft,
        'demo_mft_short_drive': bytes([3 | 8, 0, 2, 0, 0, 0, 0, 0]) + mft,
    }
    # The volume's first 256 KiB with its own boot record.
    seeds['raw_volume'] = bytes([4, 0, 0, 0, 0, 0, 0, 0]) + disk[start:start + 256 * 1024 - 8]
    return seeds


def copy_seeds():
    """fuzz_copy's inputs: a mode byte (bit 0 NTFS, bit 1 flat, bit 2 slow scan too) and a fuzz_fat or fuzz_ntfs_scan input."""
    seeds = {}
    for name, data in fat_seeds().items():
        seeds['fat_' + name] = bytes([0]) + data
        seeds['fat_flat_' + name] = bytes([2]) + data
    ntfs = ntfs_scan_seeds()
    seeds['ntfs_demo_mft'] = bytes([1]) + ntfs['demo_mft']
    seeds['ntfs_flat_demo_mft'] = bytes([3]) + ntfs['demo_mft']
    seeds['ntfs_raw_volume'] = bytes([5]) + ntfs['raw_volume']
    return seeds


def main():
    out = sys.argv[1]
    for name, seeds in (('partition', partition_seeds()), ('bootrec', bootrec_seeds()), ('fat', fat_seeds()),
                        ('ntfs_scan', ntfs_scan_seeds()), ('copy', copy_seeds())):
        d = os.path.join(out, name)
        os.makedirs(d, exist_ok=True)
        for seed, data in seeds.items():
            with open(os.path.join(d, seed), 'wb') as f:
                f.write(data)


if __name__ == '__main__':
    main()
