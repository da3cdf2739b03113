#include "aLogger.h"

#include <system_error>

bool aVALIDLOGGER(const aLogger* logger)
{
    return logger && logger->check == aLOGGER_CHECK;
}

aLogger* aLogger_Create(uint32_t linkId, aLoggerProc callback, const char* path)
{
    if (!callback || !path)
        return nullptr;
    aFile* file = aFile_Open(path, 2);
    if (!file)
        return nullptr;
    aFile_SetUnbuffered(file);
    aLogger* logger = new aLogger;
    logger->linkId = linkId;
    logger->callback = callback;
    logger->file = file;
    logger->running = false;
    logger->check = aLOGGER_CHECK;
    return logger;
}

static void sRunLog(aLogger* logger)
{
    while (logger->running)
        logger->callback(logger->file, logger->linkId);
}

aErr aLogger_Enable(aLogger* logger)
{
    if (!aVALIDLOGGER(logger))
        return aErrParam;
    if (logger->running)
        return aErrNone;
    logger->running = true;
    try {
        logger->thread = std::thread(sRunLog, logger);
    } catch (const std::system_error&) {
        logger->running = false;
        return aErrResource;
    }
    return aErrNone;
}

aErr aLogger_Disable(aLogger* logger)
{
    if (!aVALIDLOGGER(logger))
        return aErrParam;
    if (!logger->running)
        return aErrNone;
    if (logger->thread.get_id() == std::this_thread::get_id())
        return aErrNone;  // a thread cannot join itself
    logger->running = false;
    try {
        if (logger->thread.joinable())
            logger->thread.join();
    } catch (const std::system_error&) {
        return aErrUnknown;
    }
    return aErrNone;
}

aErr aLogger_Destroy(aLogger** logger)
{
    if (!logger || !aVALIDLOGGER(*logger))
        return aErrNone;
    const aErr result = aLogger_Disable(*logger);
    if (result != aErrNone)
        return result;
    aFile_Close(&(*logger)->file);
    (*logger)->check = 0;
    delete *logger;
    *logger = nullptr;
    return aErrNone;
}
