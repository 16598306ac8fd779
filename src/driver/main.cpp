#include "driver/entry.h"

int main(int argc, char** argv) { return updater_main(argc, argv); }
