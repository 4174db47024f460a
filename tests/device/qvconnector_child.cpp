// A program the link tests start as the connecting side of a link, to be
// killed while its connect waits for the listener:
//
//   qvconnector_child FIFO WORDS...
//
// It opens its link from WORDS (a launched program: from the words its
// launch appended), tells through FIFO once its connect waits and then waits
// to be killed (qvtest::ConnectorMain).
#include "support/qvconnectorchild.h"

int main(int argc, char** argv) { return qvtest::ConnectorMain(argc, argv); }
