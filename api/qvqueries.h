// Questions about an environment (versions, compiler text, numerics, host
// addresses and domain names, link protocols, its links) and about a link's
// device (device information, the device's own name).
#pragma once

#include <cstdint>

#include "quorvane.h"  // RVClose is public

class qv_environment;
class QVLink;

inline constexpr int kBuildNumber = 2022012131;

long RVNumericsQuery(qv_environment* environment, unsigned long selector, void* first, void* second,
                     long* count) noexcept;
void RVVersionNumbers(qv_environment* environment, int* interfaceNumber, int* revision, int* build) noexcept;
void QVVersionNumber0(qv_environment* environment, long* interfaceNumber, long* revision) noexcept;

int RVCompilerID(qv_environment* environment, const char** text) noexcept;
void RVReleaseCompilerID(qv_environment* environment, const char* text) noexcept;
int RVUTF8CompilerID(qv_environment* environment, const unsigned char** text, int* length) noexcept;
int RVUCS2CompilerID(qv_environment* environment, const unsigned short** text, int* length) noexcept;
int RVUTF16CompilerID(qv_environment* environment, const unsigned short** text, int* length) noexcept;
int RVUTF32CompilerID(qv_environment* environment, const unsigned int** text, int* length) noexcept;
void RVReleaseUTF8CompilerID(qv_environment* environment, const unsigned char* text) noexcept;
void RVReleaseUCS2CompilerID(qv_environment* environment, const unsigned short* text) noexcept;
void RVReleaseUTF16CompilerID(qv_environment* environment, const unsigned short* text) noexcept;
void RVReleaseUTF32CompilerID(qv_environment* environment, const unsigned int* text) noexcept;

int RVSetEnvIDString(qv_environment* environment, const char* text) noexcept;
int QVSetEnvIDString0(qv_environment* environment, const char* text) noexcept;


char** RVGetNetworkAddressList(qv_environment* environment, unsigned long* count) noexcept;
char** RVGetDomainNameList(qv_environment* environment, unsigned long* count) noexcept;
void RVReleaseNetworkAddressList(qv_environment* environment, char** list, unsigned long count) noexcept;
void RVReleaseDomainNameList(qv_environment* environment, char** list, unsigned long count) noexcept;

int RVGetAvailableLinkProtocolNames(qv_environment* environment, char*** names, int* count) noexcept;
void RVReleaseLinkProtocolNames(qv_environment* environment, char** names, int count) noexcept;

int RVGetLinksFromEnvironment(qv_environment* environment, QVLink*** links, int* count) noexcept;
void RVReleaseLinksFromEnvironment(qv_environment* environment, QVLink** links) noexcept;

int RVDeviceInformation(QVLink* link, unsigned long selector, void* buffer, long* size) noexcept;
int RVLowLevelDeviceName(QVLink* link, char** name) noexcept;
void RVReleaseLowLevelDeviceName(QVLink* link, char* name) noexcept;
