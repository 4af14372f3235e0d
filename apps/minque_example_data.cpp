// minque-example-data: writes the bundled example trial, EXAMPLE.TXT, into
// the directory given.
#include <cstdio>
#include <cstring>

#include "model/example_trial.hpp"

int main(int argc, char** argv) {
    const bool help = argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
    if (argc != 2 || help) {
        std::fprintf(help ? stdout : stderr,
                     "usage: minque-example-data DIRECTORY\nWrites the bundled example trial, EXAMPLE.TXT, into "
                     "DIRECTORY.\nA breeder's guide to the results: docs/guide.md\n");
        return help ? 0 : 1;
    }
    return minque::writeExampleTrial(argv[1]);
}
