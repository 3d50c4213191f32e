#include "StderrOf.h"

#include <QTemporaryFile>

#include <cstdio>
#include <unistd.h>

QByteArray stderrOf(const std::function<void()>& work)
{
    QTemporaryFile file;
    if (!file.open())
        return "no temporary file";
    fflush(stderr);
    const int saved = dup(2);
    dup2(file.handle(), 2);
    work();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    file.seek(0);
    return file.readAll();
}
