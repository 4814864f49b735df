// SPDX-License-Identifier: MIT
#include "converter/converter.hpp"

int main(int argc, char* argv[]) {
    return recwav::runRecwav(argc, argv);
}
