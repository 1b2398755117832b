// Placeholder entry until the shell lands.
#include <cstdio>
int main() { std::puts("firmware-utility " FWU_VERSION); return 0; }
