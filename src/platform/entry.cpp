// Program entry: hands the command line, in the system's path characters, to
// the command loop.
#include "app/command_line.h"

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) { return trakmap::trakmapMain(argc, argv); }
#else
int main(int argc, char** argv) { return trakmap::trakmapMain(argc, argv); }
#endif
