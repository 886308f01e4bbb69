// The runtime image only exists to be called into by the test harness.
extern "C" int main(int, char **) { return 0; }
