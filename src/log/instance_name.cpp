#include "log/instance_name.h"

std::string instanceFileName(const char* base, std::int32_t instance, const char* extension) {
    std::string name = base;
    if (instance > 0) {
        name += "-" + std::to_string(instance);
    }
    return name + extension;
}
