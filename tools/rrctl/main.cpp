/* main.cpp - rrctl, the operator tool for the request router's monitor and get-server ports.
 *
 * The commands live in RRCtl.cpp; this file only connects them to the
 * process: arguments, standard streams, and whether the output is a
 * terminal (watch then clears the screen before each table).
 */
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "RRCtl.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  RRCtlIO io(std::cout, std::cerr);
  io.clearScreen = isatty(STDOUT_FILENO) != 0;
  return RRCtlMain(args, io);
}
