#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: TKV
# MIT License (see doc/copyright in the tkvcert source)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: ca_trust_info
short_description: List the CA certificates in a Linux machine's trust store with tkvcert
version_added: "1.0.0"
description:
  - Runs C(tkvcert) on the target with C(TKVCERT_LIST) to list the trust
    store's certificates, the local ones (its anchors directory) and the
    distribution's own, and returns them from the tool's JSON report.
  - Changes nothing, so it runs in check mode as it does otherwise.
  - Use C(tkv.tkvcert.ca_trust) to install or remove one.
author:
  - TKV
requirements:
  - tkvcert 1.0.0 or later on the target (the Linux build), run as root
options:
  sysroot:
    description:
      - A directory that C(tkvcert) treats as C(/) (C(TKVCERT_SYSROOT)), for a
        container or system image.
    type: path
  clients:
    description:
      - Whether to list the programs with roots of their own too (upstream
        certifi, pip's, botocore's, httplib2's and grpc's bundles, JDKs with a
        C(cacerts) of their own, upstream node builds, Electron apps, CA copies
        under C(certs.d)), as C(clients).
      - It is a second run of the tool, C(TKVCERT_CLIENTS=1), a read-only walk
        of the whole root that takes a few seconds on a real machine and stops
        at a time limit, saying so in C(messages).
    type: bool
    default: false
  executable:
    description:
      - The C(tkvcert) to run; a name without a slash is looked for on C(PATH),
        C(/usr/sbin) and C(/sbin) included.
    type: str
    default: tkvcert
notes:
  - The tool runs with a minimal environment (C(PATH) and C(LC_ALL=C)) and
    without a shell; its report is read through a private temporary file.
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
'''

EXAMPLES = r'''
- name: List the trusted CAs
  tkv.tkvcert.ca_trust_info:
  register: trusted

- name: Remove every local CA that has expired
  tkv.tkvcert.ca_trust:
    state: absent
    thumbprint: "{{ item.sha256 }}"
  loop: "{{ trusted.certificates | selectattr('source', 'equalto', 'local') | list }}"
  when: item.not_after < now(utc=true, fmt='%Y-%m-%dT%H:%M:%SZ')
'''

RETURN = r'''
certificates:
  description: The certificates in the store, local and the distribution's.
  returned: success
  type: list
  elements: dict
  contains:
    name:
      description: The name C(tkv.tkvcert.ca_trust) matches with C(name).
      type: str
      sample: Corp Root CA
    sha1:
      description: SHA-1 thumbprint, upper-case hexadecimal.
      type: str
      sample: 4AD02C5DD4D2F9A1C14FA563F63FA23331DFFA80
    sha256:
      description: SHA-256 thumbprint, upper-case hexadecimal.
      type: str
    subject:
      description: The subject, as text.
      type: str
      sample: CN=Corp Root CA,O=Corp
    not_after:
      description: The end of its validity, in UTC.
      type: str
      sample: "2030-01-01T00:00:00Z"
    source:
      description: Where it is, C(local) (the anchors directory) or C(distribution) (its own CAs).
      type: str
      sample: local
    files:
      description: The files in the anchors directory that hold it.
      returned: when C(source) is C(local)
      type: list
      elements: str
    file:
      description: The distribution's file that holds it.
      returned: when C(source) is C(distribution)
      type: str
    distrusted:
      description: Whether the distribution's configuration or blocklist distrusts it.
      returned: when C(source) is C(distribution)
      type: bool
clients:
  description:
    - With C(clients), each store of a program's own that the walk found, whether
      it follows the store, and the setting that would point it at the store
      (null when nothing an admin sets reaches it).
  returned: when C(clients) is set
  type: list
  elements: dict
  contains:
    kind:
      description: C(certifi), C(pip), C(botocore), C(httplib2), C(grpc), C(jdk), C(node), C(electron) or C(certs.d).
      type: str
    path:
      description: The store, as the root names it.
      type: str
    follows:
      description: Whether it reads the system's store after all (Debian's certifi, Debian's node).
      type: bool
    fix:
      description: The pointer C(tkv.tkvcert.ca_trust) writes with C(clients=fix), or null.
      type: str
  sample: [{"kind": "jdk", "path": "/opt/jdk-21/lib/security/cacerts", "follows": false,
            "fix": "JAVA_TOOL_OPTIONS=-Djavax.net.ssl.trustStore=/etc/ssl/certs/java/cacerts"}]
last_error:
  description: The tool's last-error code, for example C(0x2); see tkvcert(8), DIAGNOSTICS.
  returned: failed, when the tool reported one
  type: str
  sample: "0x2"
store:
  description: The store the tool found, as C(tkv.tkvcert.ca_trust) returns it.
  returned: when the tool found one
  type: dict
messages:
  description: The lines the tool wrote on standard error, without the C(tkvcert) prefix.
  returned: always
  type: list
  elements: str
rc:
  description: The tool's exit status.
  returned: failed, when the tool ran
  type: int
stderr:
  description: What the tool printed on standard error.
  returned: failed, when the tool ran
  type: str
'''

import json
import os
import re
import subprocess
import tempfile

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.common.text.converters import to_text

# The tool runs as root: nothing of the caller's environment reaches it.
BASE_ENVIRONMENT = {'PATH': '/usr/sbin:/usr/bin:/sbin:/bin', 'LC_ALL': 'C'}
CLIENT_KEYS = ('kind', 'path', 'follows', 'fix')
KEYS = ('name', 'sha1', 'sha256', 'subject', 'not_after', 'source', 'files', 'file', 'distrusted')
# A certificate's name is whatever its issuer wrote: escape what would drive
# the terminal of ansible-playbook, as the tool and ca_trust do.
CONTROLS = re.compile(u'[\x00-\x08\x0a-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028-\u202e\u2066-\u2069]')


def shown(value):
    if isinstance(value, dict):
        return dict((k, shown(v)) for k, v in value.items())
    if isinstance(value, list):
        return [shown(v) for v in value]
    if isinstance(value, str):
        return CONTROLS.sub(lambda m: ('\\x%02x' if ord(m.group(0)) < 0x80 else '\\u%04x') % ord(m.group(0)),
                            value)
    return value


def listed(module, executable, asked):
    environment = dict(BASE_ENVIRONMENT, **asked)
    if module.params['sysroot']:
        environment['TKVCERT_SYSROOT'] = module.params['sysroot']
    # A file, not a pipe: the list can outgrow a pipe's buffer while nothing
    # reads it until the tool ends.
    with tempfile.TemporaryFile() as report_file:
        environment['TKVCERT_REPORT'] = str(report_file.fileno())
        try:
            process = subprocess.Popen([executable], env=environment, cwd='/', stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, close_fds=True,
                                       pass_fds=(report_file.fileno(),))
            _, stderr = process.communicate()
        except OSError as e:
            module.fail_json(msg='cannot run %s: %s' % (executable, to_text(e)), messages=[])
        report_file.seek(0)
        text = to_text(report_file.read(), errors='surrogate_or_replace').strip()
    stderr = to_text(stderr, errors='surrogate_or_replace')
    try:
        report = json.loads(text) if text else None
    except ValueError:
        report = None
    return process.returncode, stderr, report if isinstance(report, dict) else None


def main():
    module = AnsibleModule(
        argument_spec=dict(
            sysroot=dict(type='path'),
            clients=dict(type='bool', default=False),
            executable=dict(type='str', default='tkvcert'),
        ),
        supports_check_mode=True,
    )
    executable = module.params['executable']
    if '/' not in executable:
        executable = module.get_bin_path(executable, opt_dirs=['/usr/sbin', '/sbin'])
        if not executable:
            module.fail_json(msg='%s was not found on PATH, /usr/sbin or /sbin: install tkvcert, or give '
                                 'its path as executable' % module.params['executable'], messages=[])
    result = dict(changed=False, messages=[])
    report = checked(module, executable, {'TKVCERT_LIST': '1'}, 'list', 'the store', result)
    result['certificates'] = [dict((k, c[k]) for k in KEYS if k in c) for c in report['certificates']]
    if report.get('store'):
        result['store'] = report['store']
    if module.params['clients']:
        report = checked(module, executable, {'TKVCERT_CLIENTS': '1'}, 'clients', 'clients\' stores', result)
        result['clients'] = [dict((k, c.get(k)) for k in CLIENT_KEYS) for c in report.get('clients') or []]
    module.exit_json(**shown(result))


def checked(module, executable, asked, capability, what, result):
    """One listing's report, or the task failed with the tool's words."""
    rc, stderr, report = listed(module, executable, asked)
    messages = result['messages'] = result['messages'] + ((report or {}).get('messages') or [])
    failure = dict(rc=rc, stderr=stderr, messages=messages)
    if report is None:
        lines = stderr.strip().splitlines()
        module.fail_json(msg='%s wrote no report (TKVCERT_REPORT), exit status %d: %s'
                             % (executable, rc, lines[-1] if lines else 'nothing on standard error'),
                         **shown(failure))
    if not (report.get('capabilities') or {}).get(capability):
        # An older tool takes the setting for nothing and prints its usage.
        module.fail_json(msg='%s cannot list %s (its report lists no capabilities.%s): install a later '
                             'tkvcert' % (executable, what, capability), **shown(failure))
    if rc != 0 or report.get('outcome') != 'ok' or capability == 'list' and 'certificates' not in report:
        error = report.get('error') or {}
        why = [error.get('message') or 'outcome %s' % report.get('outcome')]
        if error.get('last_error'):
            failure['last_error'] = error['last_error']
            why[0] += ' (LastError %s)' % error['last_error']
        # The cause, then what the tool made of it.
        why.extend(m for m in messages[-2:] if m != error.get('message'))
        module.fail_json(msg=shown('listing %s failed: %s' % (what, '; '.join(why))), **shown(failure))
    return report


if __name__ == '__main__':
    main()
