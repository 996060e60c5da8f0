#include "gate_frame.h"

int main(int argc, char** argv) { return Gate_Main(argc, argv); }
