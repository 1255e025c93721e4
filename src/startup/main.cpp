// FIXME: stub until this piece is built.

int main() { return 0; }
