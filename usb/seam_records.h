#pragma once
// The variable-size records of the USB seam's enumeration, written once for its callers and its backends: a
// scratch record for a size that the platform reported, and the location text, which travels as zero-terminated
// UTF-16 units of its 8-bit characters (as SetupAPI's location property does).

#include <cstdint>
#include <memory>
#include <string>

// A zeroed record of `size` bytes (aligned for any of the platforms' records); null when it cannot be had.
std::unique_ptr<std::uint8_t[]> AllocateRecord(std::uint32_t size);

// Writes `location` into `buffer` as the seam hands it out; stores the size it takes in `requiredSize` (may be
// null). False when `buffer` is null or smaller than that: the caller fails with WIN_ERROR_INSUFFICIENT_BUFFER.
bool FillLocationRecord(const std::string& location, void* buffer, std::uint32_t bufferSize,
                        std::uint32_t* requiredSize);

// The location text of a record of `size` bytes filled as above; the first zero unit or the record's end ends it.
std::string LocationFromRecord(const std::uint8_t* record, std::uint32_t size);
