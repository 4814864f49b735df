// SPDX-License-Identifier: MIT
#include "recscan/recscan.hpp"

int main(int argc, char* argv[]) {
    return recwav::scan::runRecscan(argc, argv);
}
