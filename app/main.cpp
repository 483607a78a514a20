// Quarvel's entry point: loading the Connection window is the start-up.
#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    return 0;
}
