#include <QApplication>

#include "ui/Harrowgleam.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    CHarrowgleamApp glimmerfen;
    return glimmerfen.run();
}
