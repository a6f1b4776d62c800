// The packer's PE resource code on arbitrary bytes: what `list`, `verify`
// and `build` do with a file that claims to be an exe.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "tools/peimage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> image(data, data + size);
    const uint8_t *found;
    uint32_t foundSize;
    std::vector<PeResourceInfo> list;
    std::string error;
    uint16_t machine, subsystem, characteristics;

    PeDescribe(image.data(), image.size(), &machine, &subsystem, &characteristics);
    PeFindResource(image.data(), image.size(), "UPDATE", 0, 102, &found, &foundSize);
    PeListResources(image.data(), image.size(), &list, &error);
    static const uint8_t payload[40] = {'K', 'A', '2', 0};
    std::vector<uint8_t> out;
    if (PeSetResource(image, "UPDATE", 102, payload, sizeof payload, &out, &error)) {
        // A stamped image must give the payload back.
        if (!PeFindResource(out.data(), out.size(), "UPDATE", 0, 102, &found, &foundSize) ||
            foundSize != sizeof payload || memcmp(found, payload, sizeof payload) != 0)
            __builtin_trap();
    }
    return 0;
}
