/*
 * contact-engine-bus.h - where the contact engine service lives on the bus.
 *
 * The library, the service, the command-line tool and the tests all name the
 * service through these three constants and nothing else.  Internal: not
 * installed for applications.
 */
#ifndef CONTACT_ENGINE_BUS_H
#define CONTACT_ENGINE_BUS_H

#define CONTACT_ENGINE_BUS_NAME "com.quorvel.contact.engine"
#define CONTACT_ENGINE_OBJECT_PATH "/org/yora/contact"
#define CONTACT_ENGINE_INTERFACE "org.yora.contact"

#endif
