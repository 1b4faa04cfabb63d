#include "cache/seek_table_cache.h"

namespace trakmap {

std::optional<SeekTableRecord> loadSeekTable(char, const Digest&) { return std::nullopt; }

void storeSeekTable(std::span<const SeekPoint>, const Digest&, char, std::uint32_t, std::uint32_t,
                    std::uint32_t) {}

void setSeekTableCacheRoot(const PathString&) {}

}  // namespace trakmap
