// Demo: drives a printer that is a pseudo-terminal, and shows what the
// printer receives for each command.
#include <tarvik.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

// The printer's end of the line.
int master = -1;

// Shows the bytes the printer got: printable ones as they are, others in hex.
void show(const char *what, int result) {
    std::string got;
    char buf[512];
    pollfd p{master, POLLIN, 0};
    while (poll(&p, 1, 100) > 0) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    std::printf("%-30s -> %d, %zu bytes\n", what, result, got.size());
    std::string shown = "    ";
    for (unsigned char c : got) {
        char hex[8];
        std::snprintf(hex, sizeof hex, c >= 0x20 && c < 0x7f ? "%c" : "<%02X>", c);
        shown += hex;
        if (c == '}' || c == '\n') shown += "\n    ";
    }
    if (shown.size() > 4 && shown.compare(shown.size() - 4, 4, "    ") != 0) shown += "\n";
    if (shown.size() > 5)
        std::printf("%s", shown.substr(0, shown.find_last_not_of(' ') + 1).c_str());
    std::fflush(stdout);
}

} // namespace

int main() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("posix_openpt");
        return 1;
    }
    // The library opens "/dev/" plus five characters: hold the printer's
    // side open at descriptor 42 and name it fd/42.
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0 || dup2(slave, 42) != 42) {
        std::perror("slave");
        return 1;
    }
    char dir[] = "/tmp/tarvik-demo-XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) {
        std::perror("work directory");
        return 1;
    }
    FILE *ini = std::fopen("tarvik.ini", "w");
    std::fputs("Porta=fd/42\n341 06,14,08,06,06,05,05\n", ini);
    std::fclose(ini);
    std::printf("tarvik.ini in %s:\n   Porta=fd/42\n   341 06,14,08,06,06,05,05\n\n", dir);

    char line[] = "RECEBEMOS O DOCUMENTO ABAIXO";
    show("tarvtxt('0', 'N', line)", tarvtxt('0', 'N', line));
    char auth[] = "AUT 0001 08/12/2026 R$ 1.234,56";
    show("tarvaut('1', 'S', 'Y', auth)", tarvaut('1', 'S', 'Y', auth));
    show("tarvlf(2)", tarvlf(2));

    char t1[] = "MIL DUZENTOS E TRINTA E QUATRO REAIS E CINQUENTA E SEIS CENTAVOS";
    char t2[] = "FULANO DE TAL";
    char date[] = "8/12/2026";
    char amount[] = "1.234,56";
    char city[] = "SAO PAULO";
    char none[] = "";
    char bank[] = "341";
    show("tarvcheque(..., \"341\")", tarvcheque(t1, t2, date, amount, city, none, bank));
    char bad[] = "31/12";
    std::printf("tarvcheque with the date \"31/12\" reports:\n");
    std::fflush(stdout);
    int result = tarvcheque(t1, t2, bad, amount, city, none, bank);
    std::printf("\n");
    show("   and returns", result);

    show("tarvabreverso()", tarvabreverso());
    char back[] = "DEPOSITO EM CONTA 12345-6";
    show("tarvversotxt('2', 'N', back)", tarvversotxt('2', 'N', back));
    show("tarvfechaverso()", tarvfechaverso());

    unlink("tarvik.ini");
    if (chdir("/") == 0) rmdir(dir);
    return 0;
}
