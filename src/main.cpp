#include <QApplication>
#include <QDebug>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    qInfo("Kelvarion updater started");
    return 0;
}
