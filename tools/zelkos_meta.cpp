// zelkos-meta IMAGE: prints the command and package records of an image.
#include <cstdio>

#include "emu/meta.hpp"

using namespace zelkos;

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: zelkos-meta IMAGE\n");
        return 2;
    }
    try {
        Image img = read_image(argv[1]);
        MetaRecord cmd = read_meta(img, ".zelkos.cmdmeta", "ZCMD");
        MetaRecord pkg = read_meta(img, ".zelkos.pkgmeta", "ZPKG");
        if (cmd.strings.size() != 2)
            throw ImageError(".zelkos.cmdmeta: expected 2 strings, found " + std::to_string(cmd.strings.size()));
        if (pkg.strings.size() != 2)
            throw ImageError(".zelkos.pkgmeta: expected 2 strings, found " + std::to_string(pkg.strings.size()));
        printf("command (ZCMD version %u)\n", cmd.version);
        printf("  description: %s\n", cmd.strings[0].c_str());
        printf("  name:        %s\n", cmd.strings[1].c_str());
        printf("package (ZPKG version %u)\n", pkg.version);
        printf("  name:        %s\n", pkg.strings[0].c_str());
        printf("  release:     %s\n", pkg.strings[1].c_str());
        return 0;
    } catch (const ImageError &e) {
        fprintf(stderr, "zelkos-meta: %s: %s\n", argv[1], e.what());
        return 1;
    }
}
