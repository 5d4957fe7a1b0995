# -*- coding: utf-8 -*-
# Copyright: TKV
# MIT License (see doc/copyright in the tkvcert source)
"""The controller's side of ca_trust: a certificate file named by ``src`` is
read here, as ``copy`` reads its source, and its certificate blocks alone
are handed to the module on the target as ``content``."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import re

from ansible.errors import AnsibleError
from ansible.module_utils.common.text.converters import to_text
from ansible.plugins.action import ActionBase

# Far above any CA certificate; the tool refuses larger files anyway.
MAX_SRC_BYTES = 1024 * 1024
EXCLUSIVE = ('path', 'content', 'thumbprint', 'name')
# The blocks the tool reads a certificate from; whatever else a file holds
# (text, a key) stays on the controller.
CERTIFICATE = re.compile(r'-----BEGIN (?P<label>(TRUSTED |X509 )?CERTIFICATE|PKCS7)-----\r?\n'
                         r'[A-Za-z0-9+/=\s]*?-----END (?P=label)-----')
PRIVATE_KEY = re.compile(r'-----BEGIN [A-Z0-9 ]*PRIVATE KEY-----')


def certificate_blocks(text, found):
    """The PEM certificate blocks of a file's text; a file that holds a
    private key is refused, wherever the key is (a Vault-decrypted one
    would reach the target's logs and the play's results)."""
    if PRIVATE_KEY.search(text):
        raise AnsibleError('src %s holds a private key: give a file of the certificate alone '
                           '(its key has no place on the targets)' % found)
    blocks = [m.group(0) for m in CERTIFICATE.finditer(text)]
    if not blocks:
        raise AnsibleError('src %s holds no PEM certificate block' % found)
    return '\n'.join(blocks) + '\n'


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
        return certificate_blocks(text, found)
