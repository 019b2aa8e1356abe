#include "startup.hpp"

int main(int argc, char **argv) { return startup::run(argc, argv); }
