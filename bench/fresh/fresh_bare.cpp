// Process start and exit alone: the floor under every fresh-process row.
int main() { return 0; }
