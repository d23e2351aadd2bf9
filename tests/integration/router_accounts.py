"""The account files of a prepared router: the system users, a service account and one user."""

PASSWD = (
    "root:x:0:0:root:/root:/bin/sh\n"
    "daemon:x:1:1:daemon:/usr/sbin:/bin/false\n"
    "admin:x:500:0:Admin:/home/admin:/bin/sh\n"
    "svc:x:999:999:Service:/var/svc:/bin/false\n"
    "guest:x:1000:1000:Guest:/home/guest:/bin/sh\n"
)
SHADOW = (
    "root:$1$r$root:19000:0:99999:7:::\n"
    "daemon:*:19000:0:99999:7:::\n"
    "admin:$1$a$admin:19000:0:99999:7:::\n"
    "svc:!:19000:0:99999:7:::\n"
    "guest:$1$g$guest:19000:0:99999:7:::\n"
)
GROUP = "root:x:0:\nsvc:x:999:\nusers:x:1000:guest\n"
