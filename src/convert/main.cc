#include "platform.h"
#include "run.h"

int main(int argc, char **argv) {
  prepare_process();
  return run(argc, argv);
}
