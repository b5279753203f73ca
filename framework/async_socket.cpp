// What both backends of CAsyncSocket share: the notifications a socket class does not handle.
#include "framework/async_socket.h"

namespace fw {

void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnSend(int) {}
void CAsyncSocket::OnOutOfBandData(int) {}
void CAsyncSocket::OnAccept(int) {}
void CAsyncSocket::OnConnect(int) {}
void CAsyncSocket::OnClose(int) {}

}  // namespace fw
