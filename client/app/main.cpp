#include "app/CalorviewMain.h"

int main(int argc, char** argv) {
    return CalorviewMain(argc, argv);
}
