#include "tarvid.h"

int main() { return tarvid_run(); }
