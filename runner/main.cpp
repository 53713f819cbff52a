// Process entry of the host.
#include <cstdlib>

#include "runner/main_interface.h"

int main(int argc, char** argv) {
  std::exit(lumora::lumoraMain(argc, argv));
}
