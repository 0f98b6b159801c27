#include "control/monitor.h"

int main() { return treemon::run(); }
