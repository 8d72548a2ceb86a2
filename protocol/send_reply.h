// Replies on the TCP ports: a payload framed with its checksum (protocol/framing.h) and sent on
// an endpoint.
#pragma once

#include <cstdint>

class TcpEndpoint;

// Frames payload and checksum and sends the frame on the endpoint in one send. Returns 1 when
// the endpoint was connected and the frame handed over; 0 when it was not connected, or when
// the payload does not fit a frame (nothing is sent then).
int sendReply(const uint8_t* payload, int count, TcpEndpoint* endpoint);
