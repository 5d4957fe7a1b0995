# -*- coding: utf-8 -*-
# Copyright: TKV
# MIT License (see doc/copyright in the tkvcert source)
"""The controller's side of ca_trust: a certificate file named by ``src`` is
read here, as ``copy`` reads its source, and handed to the module on the
target as ``content``."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

from ansible.errors import AnsibleError
from ansible.module_utils.common.text.converters import to_text
from ansible.plugins.action import ActionBase

# Far above any CA certificate; the tool refuses larger files anyway.
MAX_SRC_BYTES = 1024 * 1024
EXCLUSIVE = ('path', 'content', 'thumbprint', 'name')


class ActionModule(ActionBase):

    TRANSFERS_FILES = False

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        del tmp
        args = dict(self._task.args)
        src = args.pop('src', None)
        if src is not None:
            try:
                args['content'] = self._read_src(src, args)
            except AnsibleError as e:
                result.update(failed=True, msg=to_text(e))
                return result
        result.update(self._execute_module(module_name='tkv.tkvcert.ca_trust', module_args=args,
                                           task_vars=task_vars))
        return result

    def _read_src(self, src, args):
        taken = [k for k in EXCLUSIVE if args.get(k) is not None]
        if taken:
            raise AnsibleError('src is mutually exclusive with %s' % ', '.join(taken))
        found = self._find_needle('files', src)
        data, dummy = self._loader._get_file_contents(found)
        if len(data) > MAX_SRC_BYTES:
            raise AnsibleError('src %s is larger than %d bytes: no certificate is' % (found, MAX_SRC_BYTES))
        try:
            text = data.decode('ascii')
        except UnicodeDecodeError:
            raise AnsibleError('src %s is not PEM text (DER, perhaps): convert it with '
                               '"openssl x509 -inform der", or copy it to the target and give path' % found)
        if '-----BEGIN' not in text:
            raise AnsibleError('src %s holds no PEM block' % found)
        return text
