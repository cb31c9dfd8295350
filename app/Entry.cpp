#include "app/Main.h"

// The program takes no arguments; whatever happens, it returns 0.
int main(int argc, char* argv[]) {
    TApplication application(argc, argv);
    application.setApplicationDisplayName(ApplicationTitle);
    return application.Run();
}
