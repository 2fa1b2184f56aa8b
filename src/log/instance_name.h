// File names that carry the instance number: "<base><extension>", or "<base>-<n><extension>"
// for an instance above 0 ("Quorvank-LT-2.exe", "Zel-Restarter-2.log").
#pragma once

#include <cstdint>
#include <string>

std::string instanceFileName(const char* base, std::int32_t instance, const char* extension);
