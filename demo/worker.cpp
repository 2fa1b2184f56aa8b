// A harmless stand-in for the Quorvank-LT worker, for trying the watchdog out: it does nothing
// but wait until it is killed.
#include <chrono>
#include <thread>

int main() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
}
