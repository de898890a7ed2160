#include "app/lifecycle.h"

int main(int /*argc*/, char** /*argv*/) {
    return InitializeApplication();
}
