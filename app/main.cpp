#include "app/driver.h"

int main(int argc, char** argv) { return orvandel::run_orvandel(argc, argv); }
