#include "app/Interface.h"
#include "platform/log.h"

int main(int argc, char** argv) {
    platform::useProgramLogWriter();
    return runApplication(argc, argv);
}
