#include "demo/demo-output.h"

#include <cstring>

DoutConsoleAndFile::DoutConsoleAndFile(const char* pFilePath) : m_pFile(fopen(pFilePath, "wb")) {}

DoutConsoleAndFile::~DoutConsoleAndFile()
{
    if (m_pFile)
        fclose(m_pFile);
}

void DoutConsoleAndFile::Print(const char* text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_console.Print(text);
    if (m_pFile && text)
    {
        fwrite(text, 1, strlen(text), m_pFile);
        // Written through at once: a reader may look while the game still runs.
        fflush(m_pFile);
    }
}

void DoutConsoleAndFile::Flush()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pFile)
        fflush(m_pFile);
}
