// Instance operations on multi-instance tables: adding, deleting, counting
// and naming instances, and several fields of one instance in one request.
// Callers hold the worker's configuration lock. Field and value lists are
// items joined by "<QV_TOKEN>", each list ending in "<QV_TOKEN>"; strings
// handed out are freed by the caller with SC_FREE.
#ifndef TARVI_SC_OPS_INST_H
#define TARVI_SC_OPS_INST_H

#include "sc_types.h"

// A value list handed out by config_sc_get_instance_fields holds fewer bytes
// than this; a longer one is refused.
#define SC_INST_FIELDS_BUF_SIZE 1024

// True for a name an instance may take: letters, digits, '_' and '-',
// without "-1" (which marks templates). Logs the refusal.
bool valid_instance_name(const char *name);

// Adds instance `name` under the table at URI (slash form; a URI beginning
// with '.' is refused with -1) by copying the table's template.
// 0; SC_DATA_NOT_FOUND for a missing table or template; -1 for a name that
// is empty, holds other than letters, digits, '_' and '-', or holds "-1",
// whose copies' URIs would be too long, or that numbers no field of a key
// the template binds by instance number (nothing is made then).
int config_sc_add_inst(const char *URI, const char *name);

// Adds instance MeName under the view table at URI. When the view's
// template is a reference to a "sys" template, a "sys" instance is made too:
// its number is the first of *number to 31 that no "sys" instance is named
// with and that numbers the "sys" template's fields, stored in *number, and
// the view instance's references point at it. 0; SC_DATA_NOT_FOUND when
// MeName exists or the table or template is missing; -1 (nothing is made).
int config_sc_me_add_inst(const char *URI, const char *MeName, u_16 *number);
// Deletes the instance at URI and, when it is a reference to an instance of
// another table, that instance first; the fields the instances bind by their
// number in flat keys are emptied. 0; SC_DATA_NOT_FOUND; -1 (nothing is
// deleted) for a node that is no instance of a table, an instance declared
// by a profile (the next load would bring it back), or a subtree that a
// callback running for a parked request still uses.
int config_sc_del_Inst(const char *URI);
// *number: the number of instances of the view's table at URI.
int config_sc_query_sys_inst_number_by_me(const char *URI, u_16 *number);
// *value: a copy of the name of the nth instance under URI, or null.
int config_sc_query_inst_name(const char *URI, u_16 nth, char **value);
// *value: a copy of the name of the last instance under URI, or null.
int config_sc_query_last_name(const char *URI, char **value);
// *number: the number of instances under URI.
int config_sc_query_inst_number(const char *URI, u_16 *number);
// *values: the values of the fields of the instance at URI joined by
// "<QV_TOKEN>", "QV_NULL" for a field without value (key-bound fields read
// through their binding). 0; SC_DATA_NOT_FOUND for a missing field; -1 for an
// empty field name or one with a blank, or a list that does not fit.
int config_sc_get_instance_fields(const char *URI, const char *fields, char **values);
// Adds the instance with the lowest number from 1 that no instance has and
// that numbers the template's fields, sets its fields and writes the number
// into the serial node "URI@@@serial"; *name: its name. 0; SC_DATA_NOT_FOUND
// without serial node; -1 (nothing is left behind).
int config_sc_add_instance_fields(const char *URI, const char *fields, const char *values, char **name);
// Sets the fields of the instance at URI ("<QV_SPACE>" in a value stands for
// a blank; a reference field is written where it points), all or none.
// 0; SC_DATA_NOT_FOUND for a missing field; -1 for a value list of another
// length than the field list or a write a field refuses.
int config_sc_set_instance_fields(const char *URI, const char *fields, const char *values);

#endif
