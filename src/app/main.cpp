#include "app/TelvaneApp.h"

int main(int argc, char* argv[])
{
    return telvane::TelvaneApp::run(argc, argv);
}
