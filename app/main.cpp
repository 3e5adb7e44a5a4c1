#include "app/Application.h"
#include "app/Main.h"

int main(int argc, char** argv)
{
    TApplication Application(argc, argv);
    TfmMain fmMain;
    fmMain.show();
    return Application.exec();
}
