#include <cstdio>

int main() {
    std::puts("wren: no verbs yet");
    return 0;
}
