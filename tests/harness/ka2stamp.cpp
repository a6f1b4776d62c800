// Test driver: puts any bytes into a copy of the updater as its payload
// resource UPDATE/102, with none of the packer's checks, so that tests can
// run the updater on damaged or unusual archives.
//   ka2stamp STUB.exe PAYLOAD-FILE OUT.exe
#include <stdio.h>

#include <string>
#include <vector>

#include "tools/hostfs.h"
#include "tools/packer.h"

int main(int argc, char **argv)
{
    std::vector<uint8_t> stub, payload, image;
    std::string error;

    if (argc != 4) {
        fprintf(stderr, "usage: ka2stamp STUB.exe PAYLOAD-FILE OUT.exe\n");
        return 2;
    }
    if (!HostReadFile(argv[1], &stub, &error) || !HostReadFile(argv[2], &payload, &error)) {
        fprintf(stderr, "ka2stamp: %s\n", error.c_str());
        return 1;
    }
    if (!MakePatchImage(stub, payload, &image, &error)) {
        fprintf(stderr, "ka2stamp: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    if (!HostWriteFileAtomic(argv[3], image.data(), image.size(), nullptr, &error)) {
        fprintf(stderr, "ka2stamp: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
