// A program built against an installed tarvik.
#include <tarvik.h>

#include <cstdio>

int main() {
    char buf[4] = "abc";
    // A read on no descriptor fails: nothing read, the buffer untouched.
    int got = serial_gets(-1, buf, 3);
    comando[0] = 'x';
    bool ok = got == 0 && buf[0] == 'a' && sizeof comando == 100 && sizeof bufi == 100;
    std::puts(ok ? "consumer ok" : "consumer failed");
    return ok ? 0 : 1;
}
