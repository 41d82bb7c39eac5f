// qxhost: the stand-in host's command line. It parses arguments and hands each
// command to its own function.
int main() { return 0; }
