#include "converter/converter.hpp"

int main(int argc, char* argv[]) {
    return runRecwav(argc, argv);
}
