// Finding a volume's $MFT when its boot record's pointer cannot be trusted.
#pragma once
#include <array>
#include <cstdint>

struct AppContext;
struct PHYDRIVE_INFO;
struct LOGDRIVE_INFO;

// Where formatting tools put the $MFT, cluster 4 being the common one; only
// these few are read so a damaged volume costs three reads, not a search.
inline constexpr std::array<std::uint64_t, 3> kMftCandidateClusters = {4, 0xC0000, 0x600000};

// Looks for the $MFT at the candidate clusters; sets vol.mft_lba when found. 1 when found.
int LocateMft(AppContext& ctx, PHYDRIVE_INFO& drive, LOGDRIVE_INFO& vol);
