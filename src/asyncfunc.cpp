#include "asyncfunc.h"

ASyncFunc::ASyncFunc()
    : QObject(nullptr)
{
}

void ASyncFunc::runHere()
{
    emit runResult(run());
}
