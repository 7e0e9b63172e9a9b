// The service host's side of the program's entry point, for tests that run
// the service as a child process: "-i", "-u" and "-s" call the same actions
// the program calls.
#include "app/commandline.h"
#include "service/pellmoorservice.h"

int main(int argc, char* argv[]) {
    CCommandLineArgs args;
    args.Parse(argc, argv);
    if (args.HasSwitch("-i")) {
        InstallServiceCommand(args);
    } else if (args.HasSwitch("-u")) {
        UninstallServiceCommand();
    } else if (args.HasSwitch("-s")) {
        return RunServiceCommand(argc, argv);
    }
    return 0;
}
