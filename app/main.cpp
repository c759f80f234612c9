#include "app/application.hpp"

int main(int argc, char **argv) { return fw::app::run(argc, argv); }
