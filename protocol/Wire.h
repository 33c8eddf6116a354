// The protocol's door: the messages (Protocol.h), the codec that checks them, the connection
// that carries them with their fds, where the camera's socket lives, listening and connecting,
// and the check of who is on the other end.
#pragma once

#include "base/Result.h"
#include "protocol/Codec.h"
#include "protocol/Connection.h"
#include "protocol/Listener.h"
#include "protocol/PeerCheck.h"
#include "protocol/Protocol.h"
#include "protocol/SocketPath.h"
