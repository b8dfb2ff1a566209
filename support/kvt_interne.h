/* Links between the support library's own sources; nothing here is exported. */
#ifndef KVT_INTERNE_H
#define KVT_INTERNE_H

/* A configuration warning: written to stderr at once, and to the error log,
 * at once when it is open or else as soon as kvtlog_init opens it. */
void kvtlog_avertit(const char *texte);

#endif
