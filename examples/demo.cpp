// Demo: an application that prints through the library with ./tarvik.ini:
// a check, a front line at two pitches, an authentication, two lines on the
// back of the document, and line feeds. tools/demo.sh runs it against the
// virtual printer.
#include <tarvik.h>

#include <cstdio>

namespace {

int failed = 0;

void expect(const char *what, int result) {
    if (result != 1) {
        std::fprintf(stderr, "demo: %s returned %d\n", what, result);
        ++failed;
    }
}

} // namespace

int main() {
    char words1[] = "MIL DUZENTOS E TRINTA E QUATRO REAIS";
    char words2[] = "E CINQUENTA E SEIS CENTAVOS";
    char date[] = "8/12/2026";
    char amount[] = "1.234,56";
    char payee[] = "FULANO DE TAL";
    char city[] = "SAO PAULO";
    char bank[] = "341";
    expect("tarvcheque", tarvcheque(words1, words2, date, amount, payee, city, bank));

    char title[] = "RECEBEMOS O DOCUMENTO ABAIXO";
    char detail[] = "AGENCIA 0001  CONTA 12345-6  DOCUMENTO 000123  VALOR R$ 1.234,56";
    expect("tarvtxt", tarvtxt('0', 'N', title));
    expect("tarvtxt", tarvtxt('5', 'N', detail));

    char auth[] = "AUT 0001 08/12/2026 R$ 1.234,56";
    expect("tarvaut", tarvaut('1', 'S', 'Y', auth));

    char back1[] = "DEPOSITO EM CONTA 12345-6";
    char back2[] = "AGENCIA 0001 - 08/12/2026";
    expect("tarvabreverso", tarvabreverso());
    expect("tarvversotxt", tarvversotxt('2', 'N', back1));
    expect("tarvversotxt", tarvversotxt('2', 'N', back2));
    expect("tarvfechaverso", tarvfechaverso());

    expect("tarvlf", tarvlf(3));
    return failed == 0 ? 0 : 1;
}
