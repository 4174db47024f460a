// The process entry of the installable program.
#include "application/qvapplication.h"

int main(int argc, char** argv) { return Quorvane::RVMain(argc, argv); }
