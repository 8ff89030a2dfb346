#ifndef ASYNCRUN_H
#define ASYNCRUN_H

#include <QRunnable>

class ASyncFunc;

// Runnable that runs one worker on the pool and then deletes it; the pool
// deletes the runnable itself.
class ASyncRun : public QRunnable
{
public:
    explicit ASyncRun(ASyncFunc* func);
    ~ASyncRun() override;

    void run() override;

private:
    ASyncFunc* m_Func;
};

#endif
