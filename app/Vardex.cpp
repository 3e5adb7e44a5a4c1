#include "app/Main.h"
#include "app/Application.h"

#include <csignal>

int main(int argc, char** argv)
{
    // The TLS library writes to its sockets without MSG_NOSIGNAL: a peer that closes in the
    // middle of a write must fail that write, not end the program.
    signal(SIGPIPE, SIG_IGN);
    TApplication Application(argc, argv);
    TfmMain fmMain;
    fmMain.show();
    return Application.exec();
}
