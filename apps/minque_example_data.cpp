// minque-example-data: writes the bundled example trial, EXAMPLE.TXT, into
// the directory given.
#include <cstdio>

#include "model/example_trial.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: minque-example-data DIRECTORY\n");
        return 1;
    }
    return minque::writeExampleTrial(argv[1]);
}
