// The entry of radiogate; the frame itself lives in main.cpp, so the tests can link it.
#include "main.h"

int main(int argc, char** argv) { return System_Main(argc, argv); }
