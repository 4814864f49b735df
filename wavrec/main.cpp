// SPDX-License-Identifier: MIT
#include "wavrec/wavrec.hpp"

int main(int argc, char* argv[]) {
    return recwav::runWavrec(argc, argv);
}
