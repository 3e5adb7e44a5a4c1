#include "app/Main.h"
#include "app/Application.h"

int main(int argc, char** argv)
{
    TApplication Application(argc, argv);
    TfmMain fmMain;
    fmMain.show();
    return Application.exec();
}
