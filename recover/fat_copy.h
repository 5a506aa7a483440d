// FAT32 chains as the copy and the verify follow them.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "scan/records.h"
#include "volume/logdrive.h"

// Clusters a file of `size` bytes takes (0 for an empty file or no cluster size).
std::uint64_t ClustersForSize(const LOGDRIVE_INFO& vol, std::uint64_t size);

// 1 when `fat` holds a chain for the file: from its first cluster exactly the
// clusters its size needs, every link a data cluster of the volume (2 ..
// cluster_count + 1), the last entry an end-of-chain mark. A file of at most
// one cluster passes when its first cluster is a data cluster.
int CheckFatChain(const LOGDRIVE_INFO& vol, std::span<const std::uint32_t> fat, const FILE_INODE& f);

// The file's clusters along `fat` (which CheckFatChain accepted), at most the
// number its size needs.
std::vector<std::uint32_t> FatChainClusters(const LOGDRIVE_INFO& vol, std::span<const std::uint32_t> fat,
                                            const FILE_INODE& f);

// The loaded FAT copies of the volume (empty spans when not loaded).
std::span<const std::uint32_t> Fat1Of(const LOGDRIVE_INFO& vol);
std::span<const std::uint32_t> Fat2Of(const LOGDRIVE_INFO& vol);
