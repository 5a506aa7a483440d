// A small real-mode program placed where a boot record carries boot code:
// it says the volume cannot start a system and waits for a key.
#pragma once
#include <cstdint>
#include <span>

// The stub's bytes; position independent, so any offset in a sector works.
std::span<const std::uint8_t> BootStub();
// Copies the stub into `area` (as much as fits; the rest is left alone).
void PlaceBootStub(std::span<std::uint8_t> area);
