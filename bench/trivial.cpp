// The yardstick for start-up cost: a C++ program that reads its argument
// into a std::string and exits, built with the same compiler and flags.
#include <string>

int main(int argc, char** argv) {
  const std::string argument = argc > 1 ? argv[1] : "";
  return argument.size() > 1000000 ? 1 : 0;
}
