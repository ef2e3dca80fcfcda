// The patch engine's fuzz targets: each takes any bytes, must not crash, hang or read out of
// bounds, and checks what must always hold. libFuzzer drives them; the saved inputs replay as
// ordinary tests in every preset.
#pragma once

#include <cstddef>
#include <cstdint>

// The patch reader: as given, and with a correct integrity check put on the end, so that the
// fuzzer gets past it. A patch that reads must write back to the same bytes.
int FuzzParse(const std::uint8_t* data, std::size_t size);

// The delta decoder: u16 old size, u32 new size, the old file, then a zstd frame. It must never
// hand on more than the new size.
int FuzzDecode(const std::uint8_t* data, std::size_t size);

// The whole apply on a small directory in memory, the input taken as a patch (with its integrity
// check put on the end): a failed apply must leave the directory exactly as it was.
int FuzzApply(const std::uint8_t* data, std::size_t size);

// What happens when something that must hold does not: by default the process aborts (the crash a
// fuzzer reports); the replayed tests give a handler that reports the input instead. A handler
// must not return (it throws).
void SetFuzzFailureHandler(void (*handler)(const char* what));
