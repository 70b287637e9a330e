// The library's interface as an application that does not use the project
// header declares it: plain C++ functions, linked by their mangled names.
#ifndef TARVIK_TEST_API_H
#define TARVIK_TEST_API_H

int serial_open();
int serial_close(int fd);
int serial_puts(int fd, char *text);
int serial_putn(int fd, char *data, int n);
int serial_gets(int fd, char *buf, int size);
int tarvlf(int n);
int tarvabreverso();
int tarvfechaverso();
int tarvtxt(char pitch, char flag, char *text);
int tarvaut(char pitch, char flag, char selector, char *text);
int tarvversotxt(char pitch, char flag, char *text);
int tarvcheque(char *text1, char *text2, char *date, char *amount, char *text5, char *text6,
               char *bank);
void chequecom(int fd, char code, char *text);
void setme(char &pitch, char &flag, int &width, char &control);
void setmev(char &pitch, char &flag, int &width, char &control);
void completastr(char *text, char fill, int width, int right);
int posicao(char c, char *text);
extern char comando[100];
extern char bufi[100];

#endif
