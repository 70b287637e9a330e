// The project header declares each function with exactly its types: the
// build of this file is the test.
#include "tarvik.h"

#include <gtest/gtest.h>

#include <type_traits>

#define DECLARES(name, type)                                                                       \
    static_assert(std::is_same<decltype(&name), type>::value, #name " has other types")

DECLARES(serial_open, int (*)());
DECLARES(serial_close, int (*)(int));
DECLARES(serial_puts, int (*)(int, char *));
DECLARES(serial_putn, int (*)(int, char *, int));
DECLARES(serial_gets, int (*)(int, char *, int));
DECLARES(tarvlf, int (*)(int));
DECLARES(tarvabreverso, int (*)());
DECLARES(tarvfechaverso, int (*)());
DECLARES(tarvtxt, int (*)(char, char, char *));
DECLARES(tarvaut, int (*)(char, char, char, char *));
DECLARES(tarvversotxt, int (*)(char, char, char *));
DECLARES(tarvcheque, int (*)(char *, char *, char *, char *, char *, char *, char *));
DECLARES(chequecom, void (*)(int, char, char *));
DECLARES(setme, void (*)(char &, char &, int &, char &));
DECLARES(setmev, void (*)(char &, char &, int &, char &));
DECLARES(completastr, void (*)(char *, char, int, int));
DECLARES(posicao, int (*)(char, char *));
static_assert(std::is_same<decltype(comando), char[100]>::value, "comando");
static_assert(std::is_same<decltype(bufi), char[100]>::value, "bufi");

TEST(Header, LinksEveryDeclaredName) {
    // Taking each address makes the link fail on a missing or mangled name.
    const void *all[] = {
        reinterpret_cast<const void *>(&serial_open),
        reinterpret_cast<const void *>(&serial_close),
        reinterpret_cast<const void *>(&serial_puts),
        reinterpret_cast<const void *>(&serial_putn),
        reinterpret_cast<const void *>(&serial_gets),
        reinterpret_cast<const void *>(&tarvlf),
        reinterpret_cast<const void *>(&tarvabreverso),
        reinterpret_cast<const void *>(&tarvfechaverso),
        reinterpret_cast<const void *>(&tarvtxt),
        reinterpret_cast<const void *>(&tarvaut),
        reinterpret_cast<const void *>(&tarvversotxt),
        reinterpret_cast<const void *>(&tarvcheque),
        reinterpret_cast<const void *>(&chequecom),
        reinterpret_cast<const void *>(&setme),
        reinterpret_cast<const void *>(&setmev),
        reinterpret_cast<const void *>(&completastr),
        reinterpret_cast<const void *>(&posicao),
        static_cast<const void *>(comando),
        static_cast<const void *>(bufi),
    };
    for (const void *p : all)
        EXPECT_NE(nullptr, p);
}
