#include "frame.h"

int main() { return Switch_Main(); }
