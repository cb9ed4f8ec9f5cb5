#include "flash_main.h"

int main(int argc, char** argv) { return flash::flash_main(std::vector<std::string>(argv, argv + argc)); }
