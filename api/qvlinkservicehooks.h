// What the link core calls of the link services: stopping a link's
// service-discovery registration. Until the link services exist no link has a
// registration, and the call does nothing.
#pragma once

class QVLink;
class qv_environment;

// Stops the registration *registration of link and clears it. Nothing for a
// null reference or a null registration.
void RVStopRegisteringLinkServiceForLink(qv_environment* environment, QVLink* link, void** registration);
