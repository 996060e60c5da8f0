// gate_frame.h — radiogate's process frame.
#pragma once

// Start-up and the loop; returns the process status.
int Gate_Main(int argc, char** argv);
