// A program of nothing, linked with every object of one library and only what that library
// may use: a call into a layer it must not use fails to link (see CMakeLists.txt).
int main() { return 0; }
