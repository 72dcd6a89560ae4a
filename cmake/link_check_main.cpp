// The program of each layer's link check (CMakeLists.txt): it only has to link, and is never run.
int main() { return 0; }
