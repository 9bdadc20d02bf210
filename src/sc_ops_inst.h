// Instance operations on multi-instance tables: adding, deleting, counting
// and naming instances, and several fields of one instance in one request.
// Callers hold the worker's configuration lock. Field and value lists are
// items joined by "<QV_TOKEN>", each list ending in "<QV_TOKEN>"; strings
// handed out are freed by the caller with SC_FREE.
#ifndef TARVI_SC_OPS_INST_H
#define TARVI_SC_OPS_INST_H

#include "sc_types.h"

// Adds an instance under URI for view MeName; *number is the number asked
// for (0: any) and receives the number chosen. 0 or a failure code.
int config_sc_me_add_inst(const char *URI, const char *MeName, u_16 *number);
// Deletes the instance at URI. 0 or a failure code.
int config_sc_del_Inst(const char *URI);
// *number: the number of instances of the view's table at URI.
int config_sc_query_sys_inst_number_by_me(const char *URI, u_16 *number);
// *value: the name of the nth instance under URI, or null.
int config_sc_query_inst_name(const char *URI, u_16 nth, char **value);
// *value: the name of the last instance under URI, or null.
int config_sc_query_last_name(const char *URI, char **value);
// *number: the number of instances under URI.
int config_sc_query_inst_number(const char *URI, u_16 *number);
// *values: the value list of the fields of the instance at URI.
int config_sc_get_instance_fields(const char *URI, const char *fields, char **values);
// Adds an instance under URI with the fields set; *name: its name.
int config_sc_add_instance_fields(const char *URI, const char *fields, const char *values, char **name);
// Sets the fields of the instance at URI.
int config_sc_set_instance_fields(const char *URI, const char *fields, const char *values);

#endif
