// sfx: the installer author's tool for the self-extracting launcher.
#include <iostream>
#include <string>
#include <vector>

#include "sfx/host.h"
#include "sfx/sfx.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "cat") sfx::SetBinaryStdout();
    std::ios::sync_with_stdio(false);
    return sfx::SfxMain(args, std::cout, std::cerr);
}
