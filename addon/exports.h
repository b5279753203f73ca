// The module's exported entry points, as the host calls them. Every text is a NUL-terminated
// Windows-1252 string owned by the host (null reads as empty); hSession is the host's opaque
// session handle. Only QBAddOnCanUnload and QBAddOnUninstall (always 0) return a value.
#pragma once

#include "framework/export.h"

QB_EXPORT void QB_STDCALL QBAddOnName(char* pszBuffer, int nBufferSize);
QB_EXPORT int QB_STDCALL QBAddOnCanUnload();
QB_EXPORT void QB_STDCALL QBAddOnProfileNameChange(const char* pszOldProfile, const char* pszNewProfile);
QB_EXPORT void QB_STDCALL QBAddOnProfileDeleted(const char* pszProfile);
// Runs the configuration dialog for the profile (null or empty: the global configuration).
QB_EXPORT void QB_STDCALL QBAddOnConfigure(const char* pszProfile);
// Adds the add-on to the host: pszAddOnDir is the module's directory without a trailing
// separator (null: the module's own directory).
QB_EXPORT void QB_STDCALL QBAddOnInstall(const char* pszAddOnDir);
// Removes the add-on from the host. Neither argument is read.
QB_EXPORT int QB_STDCALL QBAddOnUninstall(unsigned nUnused1, unsigned nUnused2);

QB_EXPORT void QB_STDCALL QBAddOnSessionCreate(void* hSession, const char* pszProfile);
QB_EXPORT void QB_STDCALL QBAddOnSessionDestroy(void* hSession);

QB_EXPORT void QB_STDCALL QBAddOnConnectionStart(void* hSession, unsigned nResult, const char* pszHost);
QB_EXPORT void QB_STDCALL QBAddOnFileDownloaded(void* hSession, unsigned nResult, const char* pszSource,
                                                const char* pszTarget);
QB_EXPORT void QB_STDCALL QBAddOnFileUploaded(void* hSession, unsigned nResult, const char* pszSource,
                                              const char* pszTarget);
QB_EXPORT void QB_STDCALL QBAddOnFileDeleted(void* hSession, unsigned nResult, const char* pszPath);
QB_EXPORT void QB_STDCALL QBAddOnFileRenamed(void* hSession, unsigned nResult, const char* pszOldName,
                                             const char* pszNewName);
QB_EXPORT void QB_STDCALL QBAddOnDirCreated(void* hSession, unsigned nResult, const char* pszPath);
QB_EXPORT void QB_STDCALL QBAddOnDirDeleted(void* hSession, unsigned nResult, const char* pszPath);
QB_EXPORT void QB_STDCALL QBAddOnConnectionEnd(void* hSession, unsigned nResult);

QB_EXPORT void QB_STDCALL QBAddOnLogCommand(void* hSession, const char* pszLine);
QB_EXPORT void QB_STDCALL QBAddOnLogResponse(void* hSession, const char* pszLine);
QB_EXPORT void QB_STDCALL QBAddOnLogStatus(void* hSession, const char* pszLine, int bError);
