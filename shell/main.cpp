#include "shell/browser_shell.hpp"

int main(int argc, char** argv) { return vexa::RunShell(argc, argv); }
